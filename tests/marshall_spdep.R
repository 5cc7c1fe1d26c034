#!/usr/bin/env Rscript
# Reference values for tests/marshall_prior_test.cpp from spdep's EBest
# (family "poisson"): the parameters a and b and the EB estimates. A check
# script, not run by make test: Rscript tests/marshall_spdep.R (Debian:
# r-cran-spdep). The tests keep what it printed.
suppressPackageStartupMessages(library(spdep))
cat("spdep", as.character(packageVersion("spdep")), "on", R.version.string, "\n")
show <- function(name, n, x, at = seq_along(n)) {
  r <- EBest(n, x)
  p <- attr(r, "parameters")
  cat(sprintf("%s: a = %.17g, b = %.17g\n", name, p$a, p$b))
  cat(sprintf("  estmm[%d] = %.17g\n", at, r$estmm[at]), sep = "")
}
show("hand", c(9, 0, 7, 1), c(2, 0.5, 4, 1.5))
show("all zero", c(0, 0, 0), c(1, 2, 3))
sample <- read.table(file.path(dirname(sub("--file=", "", grep("--file=", commandArgs(FALSE), value = TRUE))),
                               "..", "examples", "sample.txt"))
show("sample", sample$V3, sample$V4, c(1, 2, 30, 56))
