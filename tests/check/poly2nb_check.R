# Reference contiguity from R spdep's poly2nb, for tests/contiguity_test.cpp.
# Not run by `make test`: run it by hand where R with sf and spdep is
# installed (`tools/ensure-packages check`: Debian r-cran-spdep, which brings
# r-cran-sf) and commit what it writes.
#
#   Rscript tests/check/poly2nb_check.R        (from the repository root)
#
# 1. Writes tests/data/nc_sids/poly2nb-queen.txt and poly2nb-rook.txt: the
#    lists of poly2nb(queen = TRUE / FALSE) on the North Carolina counties
#    read with sf, one line per county in file order, "FIPS: FIPS FIPS ...",
#    the neighbours in file order, under comment lines naming the versions.
# 2. Prints the links in which the queen lists and Cressie and Read's list
#    (ncCR85.gal) differ, with the counties' names.
# 3. Prints poly2nb on two squares that meet at one corner, the corner being
#    the first vertex of the second part of a multipolygon: sf's coordinates
#    keep that ring's closing copy, so sf's poly2nb counts two points and
#    makes them rook neighbours; sp's drops it and does not.
suppressMessages({
  library(sf)
  library(spdep)
})

dir <- "tests/data/nc_sids"
nc <- st_read(file.path(dir, "sids.shp"), quiet = TRUE)
fips <- as.character(nc$FIPS)
header <- c(
  sprintf("# %s, sf %s, spdep %s (GEOS %s, GDAL %s)", R.version.string, packageVersion("sf"),
          packageVersion("spdep"), sf_extSoftVersion()[["GEOS"]], sf_extSoftVersion()[["GDAL"]]),
  "# nc <- st_read(\"sids.shp\"); poly2nb(nc, queen = %s)  (default snap = sqrt(.Machine$double.eps))",
  "# one line per county in file order: FIPS: the neighbours' FIPS in file order")
for (queen in c(TRUE, FALSE)) {
  nb <- poly2nb(nc, queen = queen)
  lines <- vapply(seq_along(nb), function(i) {
    n <- nb[[i]]
    paste0(fips[i], ":", if (length(n) == 1 && n == 0) "" else paste0(" ", fips[n], collapse = ""))
  }, "")
  h <- header
  h[2] <- sprintf(h[2], if (queen) "TRUE" else "FALSE")
  h <- c(h, sprintf("# %d links", sum(card(nb))))
  out <- file.path(dir, if (queen) "poly2nb-queen.txt" else "poly2nb-rook.txt")
  writeLines(c(h, lines), out)
  cat(sprintf("%s: %d links, written to %s\n", if (queen) "queen" else "rook", sum(card(nb)), out))
  sp_nb <- poly2nb(as(nc, "Spatial"), queen = queen)
  cat(sprintf("  the same from sp objects: %s\n", isTRUE(all.equal(nb, sp_nb, check.attributes = FALSE))))
}

queen <- poly2nb(nc, queen = TRUE)
cr <- read.gal(file.path(dir, "ncCR85.gal"), region.id = fips)
cat(sprintf("ncCR85.gal: %d links\n", sum(card(cr))))
pairs <- function(nb) {
  p <- do.call(rbind, lapply(seq_along(nb), function(i) {
    n <- nb[[i]]
    n <- n[n > i]
    if (length(n) == 0) NULL else cbind(i, n)
  }))
  paste(p[, 1], p[, 2])
}
q <- pairs(queen)
c85 <- pairs(cr)
show <- function(what, keys) {
  for (k in keys) {
    ij <- as.integer(strsplit(k, " ")[[1]])
    cat(sprintf("  %s: %s %s - %s %s\n", what, fips[ij[1]], nc$NAME[ij[1]], fips[ij[2]], nc$NAME[ij[2]]))
  }
}
show("queen only", setdiff(q, c85))
show("ncCR85 only", setdiff(c85, q))

a <- st_polygon(list(rbind(c(0, 0), c(1, 0), c(1, 1), c(0, 1), c(0, 0))))
b <- st_multipolygon(list(list(rbind(c(5, 5), c(6, 5), c(6, 6), c(5, 6), c(5, 5))),
                          list(rbind(c(1, 1), c(2, 1), c(2, 2), c(1, 2), c(1, 1)))))
squares <- st_sfc(st_cast(st_sfc(a), "MULTIPOLYGON")[[1]], b)
for (queen in c(TRUE, FALSE)) {
  cat(sprintf("corner at the start of a second part, queen = %s: sf %d link(s), sp %d link(s)\n", queen,
              sum(card(poly2nb(squares, queen = queen))),
              sum(card(poly2nb(as(squares, "Spatial"), queen = queen)))))
}
