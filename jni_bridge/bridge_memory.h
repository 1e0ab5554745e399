#pragma once
// The registry of live jdirect_AllocMem blocks, for checks that the JNI layer
// makes on native addresses that Java writes into structures.
#include <cstdint>

// True when [address, address + length) lies inside one live block.
bool bridge_block_covers(std::uint64_t address, std::uint64_t length);
