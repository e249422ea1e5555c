// The identifiers of the library, from the definitions widl generates: one
// definition for the whole program.
#include "KDRCtrl_i.c"
