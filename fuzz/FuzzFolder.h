#pragma once
// Targets that read files do it in a private temporary folder, entered once.

#include <cstddef>
#include <cstdint>
#include <string>

void EnterFuzzFolder();
void WriteInput(const char* name, const uint8_t* data, size_t size);
