#pragma once
// The three command records every camera number has: IO box outputs, PTZ
// presets and recording on a video server. Each starts with the camera's
// identity; the configuration loader fills it and calls Init.
#include <string>
#include <string_view>

#include "core/camera_base.h"

class CCommandRecord : public CCameraBase {
 public:
  // Stores address, port, reference and number in the identity part.
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  int log_camera_number = 0;  // the camera number in the command log names
};

class CIOBoxCommand : public CCommandRecord {
 public:
  int iobox_id_in_server = 0;  // "IoBoxIDInServer"
};

class CPTZCommand : public CCommandRecord {};

class CRecordingCommand : public CCommandRecord {};
