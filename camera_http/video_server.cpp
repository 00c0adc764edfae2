#include "camera_http/video_server.h"

#include <string>

void CVideoServer::Init(std::string_view address_in, int port_in, std::string_view name,
                        int number_in) {
  address = std::string(address_in.substr(0, kAddressMax));
  port = port_in;
  reference = std::string(name.substr(0, kReferenceMax));
  number = number_in;
}
