#include "vacomm.h"
