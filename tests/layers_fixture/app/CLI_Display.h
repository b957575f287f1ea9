#pragma once
// Stands for a front-end header in the layer check's own test.
