#include "app/link_panel.h"
