#pragma once
// The operator's page's files (status/page/), built into the program by
// CMake (status/page/embed.cmake): no build step of their own, nothing
// fetched from elsewhere. Constant data, read by any thread.
#include <cstddef>
#include <span>

namespace status {

struct PageAsset {
  const char* path;  // the route, "/" for the page itself
  const char* type;  // its Content-Type
  const unsigned char* data;
  std::size_t size;
};

std::span<const PageAsset> PageAssets();

}  // namespace status
