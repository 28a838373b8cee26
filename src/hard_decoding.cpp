// Built-in decoders: scaled values, status fields and text fields.
#include "j1939_stack.h"
