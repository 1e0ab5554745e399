#pragma once
// A test on a small disk of its own. The outer half calls RunOnSmallDisk: this
// test program runs again with only the inner test, in a mount namespace of its
// own (unshare) with a tmpfs of the given size (as mount takes it: "2m", "256k")
// over a private folder, whose path the inner half reads from SmallDisk(). The
// outer test is skipped where the system allows no such mount.
#include <string>

// The small disk's folder inside the inner half; null in the outer one.
const char* SmallDisk();
// Runs the inner test (a GoogleTest filter such as "Suite.Name") and expects it to pass.
void RunOnSmallDisk(const std::string& innerTest, const std::string& size);
