// The MAP file's functions as spans (the core's, which the PDB's frame data
// is made from too), under the name the command-line code knows.
#pragma once

#include "map/FunctionSpans.h"

namespace qf::cli {
using FunctionSpans = qf::FunctionSpans;
}  // namespace qf::cli
