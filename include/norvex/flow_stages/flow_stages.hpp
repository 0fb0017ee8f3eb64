#pragma once
/// Everything of the pipeline's stages in one include.

#include "norvex/flow_stages/log.hpp"
#include "norvex/flow_stages/records.hpp"
#include "norvex/flow_stages/routing.hpp"
#include "norvex/flow_stages/stages.hpp"
#include "norvex/flow_stages/state.hpp"
#include "norvex/flow_stages/tools.hpp"
