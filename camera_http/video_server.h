#pragma once
// One video server (or IO box server) whose alarm inputs the gateway watches.
#include <string_view>

#include "core/camera_base.h"

class CVideoServer : public CCameraBase {
 public:
  // Stores address, port, reference and server number.
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  int log_server_number = 0;     // the server number in its log names
  int default_alarm_number = 0;  // "DefaultInputAlrNbr"
};
