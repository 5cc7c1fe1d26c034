# Reference values for tests/standardisation_test.cpp (AgreesWithR), from base
# R alone: indirect standardisation as SpatialEpi's expected() and epitools'
# ageadjust.indirect() compute it. Not part of `make test`; run by hand:
#   Rscript tests/standardisation_check.R
# and keep the printed numbers in the test, with the R version.
d <- read.csv(text = "unit,code,age,sex,observed,pop
1,A,0-39,f,3,1520.5
1,A,0-39,m,1,1610
1,A,40-69,f,7,980.25
1,A,40-69,m,9,1011
1,A,70+,f,12,402
1,A,70+,m,10,301.75
1,B,0-39,f,0,802
1,B,40-69,f,4,655.5
1,B,70+,m,6,199
1,B,70+,f,9,250
1,C,40-69,m,11,1200
1,C,0-39,m,2,2250.125
1,C,70+,m,8,388
1,C,70+,f,5,290", colClasses = c("character", "character", "character", "character", "integer", "numeric"))
standard <- read.csv(text = "age,sex,rate
0-39,f,0.0011
0-39,m,0.0013
40-69,f,0.0071
40-69,m,0.0094
70+,f,0.031
70+,m,0.029", colClasses = c("character", "character", "numeric"))

stratum <- paste(d$age, d$sex)
regions <- unique(d$code)  # in the order of their first rows

# Internal: the stratum rates of the whole data (one unit here).
q <- tapply(d$observed, stratum, sum) / tapply(d$pop, stratum, sum)
internal <- tapply(d$pop * q[stratum], d$code, sum)[regions]

# External: the standard's rates.
rate <- setNames(standard$rate, paste(standard$age, standard$sex))
external <- tapply(d$pop * rate[stratum], d$code, sum)[regions]

cat(R.version.string, "\n")
cat("internal:", sprintf("%.17g", internal), "\n")
cat("external:", sprintf("%.17g", external), "\n")
cat("sum of internal E - sum of O:", sprintf("%.17g", sum(internal) - sum(d$observed)), "\n")
