#include "core/camera_base.h"

CCameraBase CameraBaseTable[kCameraSlots];
