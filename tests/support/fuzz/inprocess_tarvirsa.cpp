#include "inprocess_tarvirsa.h"

// The library's own prototypes, as the library itself sees them.
#ifndef TARVI_RSA_BUILDING_LIBRARY
#define TARVI_RSA_BUILDING_LIBRARY
#endif
#include "card/tarvirsa_api.h"
#include "interfaces/tarvirsa.h"

void BindInProcessTarviRsa() {
#define TARVI_FUZZ_BIND(ret, name, params, args) TarviRsa.name = &::name;
  TARVI_RSA_FUNCTIONS(TARVI_FUZZ_BIND)
#undef TARVI_FUZZ_BIND
}
