#pragma once
// "ocelam_status.ini": the state of every camera stream, published for other
// programs on the machine. One section "Scenario<n>" per camera.
#include <ctime>

namespace acquisition {

inline constexpr const char* kStatusFile = "ocelam_status.ini";
inline constexpr int kStatusCamStatus = 0;
inline constexpr int kStatusLastAlarm = 1;

// Writes the wall time `now` ("%08X" of its seconds) under "CamStatus"
// (which 0) or "LastAlarm" (which 1); any other value writes nothing.
void WriteStatusTime(int camera, int which, std::time_t now);

// Writes "1" or "0" under "Streaming"; any other state writes nothing.
void WriteStreamingState(int camera, int state);

// Writes the frame rate with "%f" under "FPS".
void WriteStreamFps(int camera, float fps);

}  // namespace acquisition
