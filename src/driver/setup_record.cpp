#include "driver/setup_record.h"

SetupRecord g_setup;
