#include "Halyard.h"
