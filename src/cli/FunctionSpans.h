// The MAP file's functions as spans (the core's, which the PDB's frame data
// is made from too).
#pragma once

#include "map/FunctionSpans.h"
