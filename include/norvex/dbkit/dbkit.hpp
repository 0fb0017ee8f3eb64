#pragma once
/// The stand-alone database tool: configuration, connection test, schema extraction and
/// query execution for an embedding application.

#include "norvex/dbkit/cell.hpp"
#include "norvex/dbkit/config.hpp"
#include "norvex/dbkit/connection.hpp"
#include "norvex/dbkit/query.hpp"
#include "norvex/dbkit/schema.hpp"
