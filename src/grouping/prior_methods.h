// The prior methods: the values of "--prior", each a row that names the
// method and the module that fills its priors.
//
// A new method is a module that fills a PriorSet (prior_set.h) and one row
// of kPriorMethods; the tables, the plot and the map follow by themselves.
#pragma once

#include <string_view>
#include <vector>

#include "grouping/prior_set.h"

namespace tarnek {

struct PriorMethod {
  std::string_view Name;        // the value of --prior
  std::string_view PlotLegend;  // the plot's legend entry of the EB ratio it draws from these priors
  void (*Fill)(const MethodInput& input, PriorSet& out);  // out comes sized for every record and group
  bool NeedsNeighbours = false;  // a run with this method must have neighbour lists
  bool NeedsMaxima = false;      // it reads the groups' likelihood maxima (MethodInput::Maxima)
  bool UsesCovariates = false;   // with --covariates it reads the groups' regressions (MethodInput::Covariates)
};

// Every method, the default first.
extern const std::vector<PriorMethod> kPriorMethods;

// The method named `name`, or nullptr.
const PriorMethod* FindPriorMethod(std::string_view name);

// The names of the methods as an option's message lists them: "mle or me".
std::string PriorMethodNames();

// Runs `method` on `input`: the priors of every record and group.
PriorSet FillPriors(const PriorMethod& method, const MethodInput& input);

}  // namespace tarnek
