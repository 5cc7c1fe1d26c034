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
# (level 0.95, exceedance of 1). Then the same for the data of the golden
# case covariates_by_unit (DIR/../golden/covariates_by_unit/before/data.csv).
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

# The maximum polished: Newton's method on (beta, t = log theta) with the
# exact derivatives, from glm.nb's fit; the standard errors there as
# summary(glm.nb) defines them (X'WX with W = m/(1 + m/theta); SE.theta from
# the observed information in theta with the means fixed).
polish <- function(X, y, off, beta, theta) {
  t <- log(theta)
  for (step in 1:50) {
    th <- exp(t)
    m <- as.vector(exp(off + X %*% beta))
    r <- th + m
    u <- th * (y - m) / r
    w <- (y + th) * m * th / r^2
    cross <- m * (y - m) / r^2
    sb <- digamma(y + th) - digamma(th) + log(th / r) + (m - y) / r
    hb <- trigamma(y + th) - trigamma(th) + 1 / th - 2 / r + (y + th) / r^2
    k <- ncol(X)
    g <- c(colSums(X * u), th * sum(sb))
    H <- matrix(0, k + 1, k + 1)
    H[1:k, 1:k] <- -crossprod(X, X * w)
    H[1:k, k + 1] <- H[k + 1, 1:k] <- th * colSums(X * cross)
    H[k + 1, k + 1] <- th^2 * sum(hb) + th * sum(sb)
    delta <- -solve(H, g)
    beta <- beta + delta[1:k]
    t <- t + delta[k + 1]
    if (max(abs(delta)) < 1e-12) break
  }
  th <- exp(t)
  m <- as.vector(exp(off + X %*% beta))
  W <- m / (1 + m / th)
  se <- sqrt(diag(solve(crossprod(X, X * W))))
  info <- -sum(trigamma(y + th) - trigamma(th) + 1 / th - 2 / (th + m) + (y + th) / (th + m)^2)
  loglik <- sum(lgamma(y + th) - lgamma(th) - lgamma(y + 1) + th * log(th / (th + m)) + y * log(m / (th + m)))
  cat("polished after", step, "steps: coefficients", g17(beta), "theta", g17(th), "\n")
  cat("  se", g17(se), "SE.theta", g17(1 / sqrt(info)), "loglik", g17(loglik), "\n")
  list(beta = beta, theta = th)
}
X <- cbind(1, f$p)
y <- f$observed
max <- polish(X, y, log(f$expected), coef(fit), fit$theta)
th <- max$theta
mu <- as.vector(exp(X %*% max$beta))
shape <- y + th
rate <- f$expected + th / mu
post <- data.frame(code = f$code, prior_mean = g17(mu), prior_sd = g17(mu / sqrt(th)), eb = g17(shape / rate),
                   sd = g17(sqrt(shape) / rate), median = g17(qgamma(0.5, shape, rate)),
                   lower = g17(qgamma(0.025, shape, rate)), upper = g17(qgamma(0.025, shape, rate, lower.tail = FALSE)),
                   p_exceed = g17(pgamma(1, shape, rate, lower.tail = FALSE)))
write.csv(post, file.path(dir, "nc_sids74_posteriors.csv"), row.names = FALSE, quote = FALSE)

# The golden case covariates_by_unit: unit a as glm.nb and polished, unit b
# (less spread than Poisson: the boundary) as the Poisson regression.
golden <- read.csv(file.path(dir, "..", "golden", "covariates_by_unit", "before", "data.csv"),
                   colClasses = c("character", "character", "integer", "numeric", "numeric"))
a <- golden[golden$unit == "a", ]
fa <- glm.nb(observed ~ x + offset(log(expected)), data = a, control = control)
fa0 <- glm.nb(observed ~ 1 + offset(log(expected)), data = a, control = control)
cat("golden unit a: glm.nb coefficients", g17(coef(fa)), "theta", g17(fa$theta), "AIC", g17(AIC(fa)),
    "null AIC", g17(AIC(fa0)), "LRT", g17(fa$twologlik - fa0$twologlik), "\n")
invisible(polish(cbind(1, a$x), a$observed, log(a$expected), coef(fa), fa$theta))
b <- golden[golden$unit == "b", ]
fb <- glm(observed ~ x + offset(log(expected)), data = b, family = poisson, control = control)
m <- fitted(fb)
cat("golden unit b: Poisson coefficients", g17(coef(fb)), "se", g17(sqrt(diag(vcov(fb)))), "loglik",
    g17(logLik(fb)), "sum((y - m)^2 - y)", g17(sum((b$observed - m)^2 - b$observed)), "\n")
fb0 <- glm(observed ~ 1 + offset(log(expected)), data = b, family = poisson)
cat("golden unit b without x: Poisson loglik", g17(logLik(fb0)), "sum((y - m)^2 - y)",
    g17(sum((b$observed - fitted(fb0))^2 - b$observed)), "\n")
cc <- golden[golden$unit == "c", ]
fc0 <- glm(observed ~ 1 + offset(log(expected)), data = cc, family = poisson)
cat("golden unit c without x: Poisson loglik", g17(logLik(fc0)), "sum((y - m)^2 - y)",
    g17(sum((cc$observed - fitted(fc0))^2 - cc$observed)), "\n")
fc <- glm.nb(observed ~ 1 + offset(log(expected)), data = cc, control = control)
cat("  glm.nb: theta", g17(fc$theta), "loglik", g17(fc$twologlik / 2), "AIC", g17(AIC(fc)), "\n")
