#pragma once
// For fuzz entries that compile the cryptographic library's sources in, so that
// its code gets the same coverage and sanitizers as the entry: fills the program's
// function table with those functions instead of loading libtarvirsa.so.
void BindInProcessTarviRsa();
