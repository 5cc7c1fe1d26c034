#!/usr/bin/env Rscript
# Reference values for the local priors and the EB Moran's I from R spdep,
# on the North Carolina SIDS data as the tests read it: the 100 counties of
# tests/data/nc_sids/sids74.txt (Unit, FIPSNO, SID74, BIR74, in the order
# of sids.dbf) and the neighbour files ncCC89.gal and ncCR85.gal there.
# Not part of `make test`: it needs R with spdep (Debian: r-base-core,
# r-cran-spdep, r-cran-foreign), which `tools/ensure-packages check` installs.
#
# usage: tests/check/neighbours_against_spdep.R [SIDS.DBF] > tests/data/nc_sids/spdep_reference.txt
#   SIDS.DBF  the original attribute table: the fixture is checked against
#             its FIPSNO, SID74 and BIR74 first
#
# Prints, for every county in record order,
#   eblocal FIPSNO EST_GEODA M A_GEODA EST_OWN A_OWN
# from EBlocal(SID74, BIR74, nb, zero.policy = TRUE, geoda = TRUE) and the
# default geoda = FALSE (the estimate, the local mean m.i and the variance
# a.i), and for each neighbour file
#   ebimoran FILE STATISTIC
# from EBImoran.mc(SID74, BIR74, nb2listw(nb, style = "W", zero.policy =
# TRUE), nsim = 999, zero.policy = TRUE)$statistic. Numbers have 17
# significant digits.
suppressPackageStartupMessages(library(spdep))

args <- commandArgs(trailingOnly = TRUE)
file_arg <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
here <- normalizePath(file.path(dirname(file_arg), "..", "data", "nc_sids"))

d <- read.table(file.path(here, "sids74.txt"), col.names = c("unit", "fipsno", "sid74", "bir74"))
if (length(args) >= 1) {
  dbf <- foreign::read.dbf(args[1], as.is = TRUE)
  stopifnot(identical(as.numeric(d$fipsno), as.numeric(dbf$FIPSNO)),
            identical(as.numeric(d$sid74), as.numeric(dbf$SID74)),
            identical(as.numeric(d$bir74), as.numeric(dbf$BIR74)))
}
y <- as.numeric(d$sid74)
e <- as.numeric(d$bir74)
g <- function(x) sprintf("%.17g", x)

cat("# R spdep reference values for tests/local_prior_test.cpp and tests/eb_moran_test.cpp\n")
cat("# written by tests/check/neighbours_against_spdep.R with", R.version.string, "and spdep",
    as.character(packageVersion("spdep")), "\n")

cc89 <- read.gal(file.path(here, "ncCC89.gal"), region.id = d$fipsno)
geoda <- EBlocal(y, e, cc89, zero.policy = TRUE, geoda = TRUE)
own <- EBlocal(y, e, cc89, zero.policy = TRUE, geoda = FALSE)
pg <- attr(geoda, "parameters")
po <- attr(own, "parameters")
cat("# eblocal FIPSNO EST_GEODA M A_GEODA EST_OWN A_OWN: EBlocal(SID74, BIR74, read.gal(\"ncCC89.gal\",",
    "region.id = FIPSNO), zero.policy = TRUE, geoda = TRUE / FALSE)\n")
for (i in seq_len(nrow(d))) {
  cat("eblocal", d$fipsno[i], g(geoda$est[i]), g(pg$m[i]), g(pg$a[i]), g(own$est[i]), g(po$a[i]), "\n")
}

cat("# ebimoran FILE STATISTIC: EBImoran.mc(SID74, BIR74, nb2listw(read.gal(FILE, region.id = FIPSNO),",
    "style = \"W\", zero.policy = TRUE), nsim = 999, zero.policy = TRUE)$statistic\n")
for (f in c("ncCC89.gal", "ncCR85.gal")) {
  nb <- read.gal(file.path(here, f), region.id = d$fipsno)
  set.seed(1)
  m <- suppressMessages(EBImoran.mc(y, e, nb2listw(nb, style = "W", zero.policy = TRUE), nsim = 999,
                                    zero.policy = TRUE))
  cat("ebimoran", f, g(m$statistic), "\n")
}
