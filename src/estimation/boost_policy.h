// The error policy of every Boost.Math call in the estimation layer: no
// error throws, and nothing is computed in long double.
//
// An invalid argument or a pole gives a NaN, an overflow an infinity, an
// underflow 0, a computation that does not converge a NaN (through
// user_evaluation_error below). Nothing is promoted to long double, so that
// Boost computes in double throughout (never in x87 extended precision,
// whose logarithm and exponential depend on the CPU).
#pragma once

#include <limits>

#include <boost/math/policies/policy.hpp>

namespace boost::math::policies {
template <class T>
T user_evaluation_error(const char* /*function*/, const char* /*message*/, const T& /*value*/) {
  return std::numeric_limits<T>::quiet_NaN();
}
}  // namespace boost::math::policies

namespace tarnek {

using BoostPolicy = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::underflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::denorm_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::user_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>,
    boost::math::policies::indeterminate_result_error<boost::math::policies::ignore_error>,
    boost::math::policies::promote_float<false>, boost::math::policies::promote_double<false>>;

}  // namespace tarnek
