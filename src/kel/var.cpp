#include "kel/var.h"
