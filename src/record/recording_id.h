#pragma once

#include <string>
#include <string_view>

namespace vantle {

// "<pid>-<n>": the recording process's id and the value of the process-wide
// recording counter, both in plain decimal. Names the recording's stop and done
// rendezvous, so another process can stop it.
using RecordingId = std::string;

// Draws the next id of this process: the counter is one atomic shared by the
// command line and every automation recording thread, and the first id is n = 1.
[[nodiscard]] RecordingId new_recording_id();

// True for exactly two non-empty runs of ASCII digits joined by one "-".
[[nodiscard]] bool is_recording_id(std::string_view text);

}  // namespace vantle
