#include "plugin/kel36_provider.h"

#include "kel36/kel36.h"

ZRNVDevice* Kel36Provider::create() const { return new Kel36(); }
