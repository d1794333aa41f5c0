#pragma once

#include <cstddef>
#include <cstdint>

namespace pcm
{
enum class WaveVerdict
{
    Found,
    NotFound,
    Error,  // unreadable, or not an acceptable sound-data file
};

// Decides whether a sound-data file holds a wave: first by the records listed in its first data chunk,
// then by looking for a wave chunk inside the wave containers among the root's further children.
WaveVerdict FindWave(const char* path);
// The same on a file already in memory; the buffer is only borrowed.
WaveVerdict FindWaveInBuffer(uint8_t* buffer, size_t length);

// The line Sonoprobe prints for a verdict, newline included.
const char* WaveVerdictLine(WaveVerdict verdict);

}  // namespace pcm
