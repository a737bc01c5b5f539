// The entry point every fuzz target defines: libFuzzer's, or the replay main's.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
