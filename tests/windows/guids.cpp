#include "KDRCtrl_i.c"
