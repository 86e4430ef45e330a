#pragma once

// The model's geometry vocabulary; the types live with the platform so that capture and media
// code below the model speak it too.
#include "platform/geometry/Geometry.h"
