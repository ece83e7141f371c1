#include "plugin/kel36_provider.h"

Kel36* Kel36Provider::create() const { return new Kel36(); }
