// The one translation unit that compiles the TOML library.
#define TOML_IMPLEMENTATION
#include <toml++/toml.h>
