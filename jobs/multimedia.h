#pragma once
// The two files every alarm job leaves in the log directory, both named after
// its alarm reference: the multimedia log (per-camera counts as profile keys,
// plus timestamped plain lines) and the multimedia message file (per camera
// the number of images and the first image file).
#include <string>
#include <string_view>

#include "jobs/job.h"

// "<LogDirectory>/<alarm ref>_multimedia.log" and "<LogDirectory>/<alarm ref>.msg".
std::string MultimediaLogPath(const CJob& job);
std::string MultimediaMessagePath(const CJob& job);

// Writes "NumberOfCams", every camera's six counts and an empty
// "MultimediaSequence" section into the multimedia log. A second call
// overwrites the values of the first in place.
void WriteMultimediaCounts(const CJob& job);

// Appends "HH:MM:SS text" to the multimedia log.
void AppendMultimediaLog(const CJob& job, std::string_view text);

// Appends "camera <n> - <reference>" to the message file and writes the
// camera's "camera%d" section (camera index `camera_index`) with the image
// count and the first image's path.
void WriteMultimediaMessage(const CJob& job, const std::string& first_image, int image_count,
                            int camera_index);
