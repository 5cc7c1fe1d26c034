// The banner that opens the console output and the log file.
#pragma once

#include <string_view>

namespace tarnek {

// The first two of the banner's three lines; the third is empty.
inline constexpr std::string_view kBannerTitle = "EB estimator for Poisson-Gamma model [Version 1.1]";
inline constexpr std::string_view kBannerNotice =
    "Empirical Bayes smoothing of small-area ratios by moments and maximum likelihood";

}  // namespace tarnek
