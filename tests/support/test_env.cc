#include "support/test_env.h"
