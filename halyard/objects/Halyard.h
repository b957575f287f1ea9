#pragma once
// Object layer of the device library (namespace Tessaron::Halyard): links, modules and entities
// over the procedural runtime.
#include "Entity.h"
#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "UEI.h"
