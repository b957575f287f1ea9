// A source below the front end that breaks the layering: the layer check must name it.
#include "CLI_Display.h"
