// Command-line parsing: positions of the file names, the option table, value
// reading, defaults and the usage text.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tarnek {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct OptionCase {
  const char* note;  // the fault the case catches
  std::vector<std::string> arguments;
  ParseStatus status;
  // Expected settings when the status is Ok (defaults unless the case says otherwise).
  int32_t limit = 20;
  double eps = 0.00001;
  double alpha = -1.0;
  double beta = -1.0;
  int32_t timing = 0;
};

TEST(OptionsTest, ParseCommandLineTable) {
  const OptionCase cases[] = {
      {"two file names: all defaults", {"d.txt", "o.txt"}, ParseStatus::Ok},
      {"later -L overrides earlier", {"d", "o", "-L5", "-L10"}, ParseStatus::Ok, 10},
      {"value without digits reads 0", {"d", "o", "-Lfive"}, ParseStatus::Ok, 0},
      {"value stops at the first non-digit", {"d", "o", "-L7x"}, ParseStatus::Ok, 7},
      {"-L alone reads 0", {"d", "o", "-L"}, ParseStatus::Ok, 0},
      {"letter case ignored for L", {"d", "o", "-l10"}, ParseStatus::Ok, 10},
      {"negative limit not range-tested", {"d", "o", "-L-5"}, ParseStatus::Ok, -5},
      {"leading white space in a value", {"d", "o", "-L 5"}, ParseStatus::Ok, 5},
      {"integer value saturates high", {"d", "o", "-L99999999999"}, ParseStatus::Ok, 2147483647},
      {"integer value saturates low", {"d", "o", "-L-99999999999"}, ParseStatus::Ok, -2147483647 - 1},
      {"-L value ignores a fraction", {"d", "o", "-L3.9"}, ParseStatus::Ok, 3},
      {"-E sets Eps", {"d", "o", "-E0.005"}, ParseStatus::Ok, 20, 0.005},
      {"letter case ignored for E", {"d", "o", "-e0.001"}, ParseStatus::Ok, 20, 0.001},
      {"-E with exponent", {"d", "o", "-E1e-3"}, ParseStatus::Ok, 20, 0.001},
      {"zero tolerance not range-tested", {"d", "o", "-E0"}, ParseStatus::Ok, 20, 0.0},
      {"-A0 reads 0.0 (automatic)", {"d", "o", "-A0"}, ParseStatus::Ok, 20, 0.00001, 0.0},
      {"no hex: -A0x10 reads 0.0", {"d", "o", "-A0x10"}, ParseStatus::Ok, 20, 0.00001, 0.0},
      {"-A alone reads 0.0", {"d", "o", "-A"}, ParseStatus::Ok, 20, 0.00001, 0.0},
      {"-A12.3", {"d", "o", "-A12.3"}, ParseStatus::Ok, 20, 0.00001, 12.3},
      {"letter case ignored for A", {"d", "o", "-a1.5"}, ParseStatus::Ok, 20, 0.00001, 1.5},
      {"leading blank in a real value", {"d", "o", "-A 2.5"}, ParseStatus::Ok, 20, 0.00001, 2.5},
      {"explicit plus sign", {"d", "o", "-A+7"}, ParseStatus::Ok, 20, 0.00001, 7.0},
      {"no inf word", {"d", "o", "-Ainf"}, ParseStatus::Ok, 20, 0.00001, 0.0},
      {"real beyond range is +inf", {"d", "o", "-A1e999"}, ParseStatus::Ok, 20, 0.00001, kInf},
      {"real beyond range is -inf", {"d", "o", "-A-1e999"}, ParseStatus::Ok, 20, 0.00001, -kInf},
      {"-B2", {"d", "o", "-B2"}, ParseStatus::Ok, 20, 0.00001, -1.0, 2.0},
      {"letter case ignored for B", {"d", "o", "-b2"}, ParseStatus::Ok, 20, 0.00001, -1.0, 2.0},
      {"negative -B kept as given", {"d", "o", "-B-3"}, ParseStatus::Ok, 20, 0.00001, -1.0, -3.0},
      {"-T sets Timing", {"d", "o", "-T"}, ParseStatus::Ok, 20, 0.00001, -1.0, -1.0, 1},
      {"-t sets Timing", {"d", "o", "-t"}, ParseStatus::Ok, 20, 0.00001, -1.0, -1.0, 1},
      {"-T twice", {"d", "o", "-T", "-t"}, ParseStatus::Ok, 20, 0.00001, -1.0, -1.0, 1},
      {"all options together",
       {"d", "o", "-A12.3", "-B13.0", "-E0.005", "-L10", "-T"},
       ParseStatus::Ok, 10, 0.005, 12.3, 13.0, 1},
      {"-T matches only as the whole argument", {"d", "o", "-tx"}, ParseStatus::OptionError},
      {"-T5 is no option either", {"d", "o", "-T5"}, ParseStatus::OptionError},
      {"unknown letter", {"d", "o", "-X"}, ParseStatus::OptionError},
      {"stops at the first bad option", {"d", "o", "-E0.005", "-X", "-T"}, ParseStatus::OptionError},
      {"bad option after good ones", {"d", "o", "-L5", "-A1", "oops"}, ParseStatus::OptionError},
      {"third position is an option", {"-T", "data.txt", "out.txt"}, ParseStatus::OptionError},
      {"a lone dash", {"d", "o", "-"}, ParseStatus::OptionError},
      {"an empty argument", {"d", "o", ""}, ParseStatus::OptionError},
      {"no dash", {"d", "o", "L5"}, ParseStatus::OptionError},
      {"non-ASCII byte after the dash", {"d", "o", "-\xC3L5"}, ParseStatus::OptionError},
      {"non-ASCII letter-like byte", {"d", "o", "-\xCC"}, ParseStatus::OptionError},
      {"no arguments", {}, ParseStatus::Usage},
      {"one argument", {"data.txt"}, ParseStatus::Usage},
      {"one option-looking argument", {"-T"}, ParseStatus::Usage},
  };
  for (const OptionCase& c : cases) {
    SCOPED_TRACE(c.note);
    RunSettings settings;
    ASSERT_EQ(ParseCommandLine(c.arguments, settings), c.status);
    if (c.status != ParseStatus::Ok) continue;
    EXPECT_EQ(settings.DataFileName, c.arguments[0]);
    EXPECT_EQ(settings.OutFileName, c.arguments[1]);
    EXPECT_EQ(settings.IterationLimit, c.limit);
    EXPECT_EQ(settings.Eps, c.eps);
    EXPECT_EQ(settings.AlphaOption, c.alpha);
    EXPECT_EQ(settings.BetaOption, c.beta);
    EXPECT_EQ(settings.Timing, c.timing);
  }
}

TEST(OptionsTest, FirstTwoPositionsAreFileNames) {
  RunSettings settings;
  ASSERT_EQ(ParseCommandLine({"-L5", "-A3"}, settings), ParseStatus::Ok);
  EXPECT_EQ(settings.DataFileName, "-L5");
  EXPECT_EQ(settings.OutFileName, "-A3");
  EXPECT_EQ(settings.IterationLimit, 20);
  EXPECT_EQ(settings.AlphaOption, -1.0);
  // Names pass unchanged, blanks and quotes included.
  ASSERT_EQ(ParseCommandLine({" my data.txt", "\"q\".txt"}, settings), ParseStatus::Ok);
  EXPECT_EQ(settings.DataFileName, " my data.txt");
  EXPECT_EQ(settings.OutFileName, "\"q\".txt");
}

TEST(OptionsTest, Defaults) {
  const RunSettings settings;
  EXPECT_EQ(settings.Eps, 1e-5);  // the double nearest to 0.00001
  EXPECT_EQ(settings.IterationLimit, 20);
  EXPECT_EQ(settings.AlphaOption, -1.0);
  EXPECT_EQ(settings.BetaOption, -1.0);
  EXPECT_EQ(settings.Timing, 0);
}

TEST(OptionsTest, ApplyOptionReportsMatch) {
  RunSettings settings;
  EXPECT_TRUE(ApplyOption("-L7", settings));
  EXPECT_EQ(settings.IterationLimit, 7);
  EXPECT_FALSE(ApplyOption("-tx", settings));
  EXPECT_FALSE(ApplyOption("-Q1", settings));
  EXPECT_EQ(settings.Timing, 0);
  EXPECT_TRUE(ApplyOption("-t", settings));
  EXPECT_EQ(settings.Timing, 1);
}

// The usage text built from its line table: leading blanks, the blanks after
// each option column and the blanks before "(recommend)" are counted out.
TEST(OptionsTest, UsageTextIsTheFourteenLines) {
  const auto sp = [](int n) { return std::string(static_cast<size_t>(n), ' '); };
  const std::string expected =
      "Usage:\n" +
      sp(3) + "tarnek DataFileName OutFileName\n" +
      "Options:\n" +
      sp(3) + "-Affff" + sp(3) + "Initial value for Alpha (a parametor of Gamma distribution)\n" +
      sp(13) + "(default ffff=moment estimator: auto)\n" +
      sp(3) + "-Bffff" + sp(3) + "Initial value for Beta (a parametor of Gamma distribution)\n" +
      sp(13) + "(default ffff=moment estimator: auto)\n" +
      sp(3) + "-Effff" + sp(3) + "Desired error tolerance for Newton-Raphson method\n" +
      sp(13) + "(default ffff=0.00001)\n" +
      sp(3) + "-Lnn" + sp(5) + "Limit of itelations for Newton-Raphson method\n" +
      sp(13) + "(default nn=20)\n" +
      "Examples:\n" +
      sp(3) + "tarnek sample.txt output.txt" + sp(16) + "(recommend)\n" +
      sp(3) + "tarnek sample.txt output.txt -A12.3 -B13.0 -E0.005 -L10\n";
  EXPECT_EQ(std::string(kUsageText), expected);
  EXPECT_EQ(std::count(kUsageText.begin(), kUsageText.end(), '\n'), 14);
}

TEST(OptionsTest, BannerLines) {
  EXPECT_EQ(kBannerTitle, "EB estimator for Poisson-Gamma model [Version 1.1]");
  EXPECT_EQ(kBannerNotice,
            "Empirical Bayes smoothing of small-area ratios by moments and maximum likelihood");
}

}  // namespace
}  // namespace tarnek
