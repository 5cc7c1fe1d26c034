# The covariate regression's reference values from MASS::glm.nb, on the North
# Carolina SIDS data of 1974-78: SID74 ~ p + offset(log(E)), p = NWBIR74/BIR74
# (the share of non-white births) and E = BIR74 * sum(SID74)/sum(BIR74).
# Not part of `make test`: nb_regression_test.cpp and end_to_end_test.cpp keep
# the numbers it prints, and tests/data holds the two files it writes.
#
#   Rscript tests/check/covariates_against_mass.R /work/shared/data/nc_sids/sids.dbf tests/data
#
# writes DIR/nc_sids74.csv (code as FIPS text, observed = SID74, expected = E,
# p; numbers with 17 significant digits), fits glm.nb to that file as read
# back, prints the fit, polishes its maximum by Newton's method on
# (beta, log theta) with the exact derivatives, and writes every county's
# posterior under the polished prior to DIR/nc_sids74_posteriors.csv
# (level 0.95, exceedance of 1).
library(foreign)
library(MASS)

args <- commandArgs(trailingOnly = TRUE)
stopifnot(length(args) == 2)
dbf <- args[1]
dir <- args[2]

d <- read.dbf(dbf, as.is = TRUE)
E <- d$BIR74 * sum(d$SID74) / sum(d$BIR74)
p <- d$NWBIR74 / d$BIR74
g17 <- function(x) sprintf("%.17g", x)
fixture <- file.path(dir, "nc_sids74.csv")
writeLines(c("code,observed,expected,p",
             paste(d$FIPS, sprintf("%d", as.integer(d$SID74)), g17(E), g17(p), sep = ",")), fixture)

f <- read.csv(fixture, colClasses = c("character", "integer", "numeric", "numeric"))
cat(R.version.string, "; MASS", as.character(packageVersion("MASS")), "\n")
control <- glm.control(epsilon = 1e-12, maxit = 100)
fit <- glm.nb(observed ~ p + offset(log(expected)), data = f, control = control)
null <- glm.nb(observed ~ 1 + offset(log(expected)), data = f, control = control)
s <- summary(fit)
cat("glm.nb(observed ~ p + offset(log(expected)), control = glm.control(epsilon = 1e-12, maxit = 100))\n")
print(format(s$coefficients, digits = 17))
cat("theta", g17(fit$theta), "SE.theta", g17(fit$SE.theta), "\n")
cat("loglik", g17(fit$twologlik / 2), "AIC", g17(AIC(fit)), "\n")
cat("null: intercept", g17(coef(null)), "theta", g17(null$theta), "SE.theta", g17(null$SE.theta),
    "loglik", g17(null$twologlik / 2), "\n")
lrt <- fit$twologlik - null$twologlik
cat("LRT", g17(lrt), "p", g17(pchisq(lrt, 1, lower.tail = FALSE)), "\n")

# The maximum polished: Newton's method on (beta, t = log theta).
X <- cbind(1, f$p)
y <- f$observed
off <- log(f$expected)
loglik <- function(beta, th) {
  m <- exp(off + X %*% beta)
  sum(lgamma(y + th) - lgamma(th) - lgamma(y + 1) + th * log(th / (th + m)) + y * log(m / (th + m)))
}
beta <- coef(fit)
t <- log(fit$theta)
for (step in 1:50) {
  th <- exp(t)
  m <- as.vector(exp(off + X %*% beta))
  r <- th + m
  u <- th * (y - m) / r
  w <- (y + th) * m * th / r^2
  cross <- m * (y - m) / r^2
  sb <- digamma(y + th) - digamma(th) + log(th / r) + (m - y) / r
  hb <- trigamma(y + th) - trigamma(th) + 1 / th - 2 / r + (y + th) / r^2
  g <- c(colSums(X * u), th * sum(sb))
  H <- matrix(0, 3, 3)
  H[1:2, 1:2] <- -crossprod(X, X * w)
  H[1:2, 3] <- H[3, 1:2] <- th * colSums(X * cross)
  H[3, 3] <- th^2 * sum(hb) + th * sum(sb)
  delta <- -solve(H, g)
  beta <- beta + delta[1:2]
  t <- t + delta[3]
  if (max(abs(delta)) < 1e-12) break
}
th <- exp(t)
mu <- as.vector(exp(X %*% beta))
m <- f$expected * mu
W <- m / (1 + m / th)
se <- sqrt(diag(solve(crossprod(X, X * W))))
info <- -sum(trigamma(y + th) - trigamma(th) + 1 / th - 2 / (th + m) + (y + th) / (th + m)^2)
cat("polished after", step, "steps: intercept", g17(beta[1]), "p", g17(beta[2]), "theta", g17(th), "\n")
cat("  se", g17(se[1]), g17(se[2]), "SE.theta", g17(1 / sqrt(info)), "loglik", g17(loglik(beta, th)), "\n")

shape <- y + th
rate <- f$expected + th / mu
post <- data.frame(code = f$code, prior_mean = g17(mu), prior_sd = g17(mu / sqrt(th)), eb = g17(shape / rate),
                   sd = g17(sqrt(shape) / rate), median = g17(qgamma(0.5, shape, rate)),
                   lower = g17(qgamma(0.025, shape, rate)), upper = g17(qgamma(0.025, shape, rate, lower.tail = FALSE)),
                   p_exceed = g17(pgamma(1, shape, rate, lower.tail = FALSE)))
write.csv(post, file.path(dir, "nc_sids74_posteriors.csv"), row.names = FALSE, quote = FALSE)
