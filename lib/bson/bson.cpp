#include "bson.h"
