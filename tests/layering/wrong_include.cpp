// Not allowed: the lowest layer includes a header of the HTTP layer.
#include "agent/http/http_session.h"

int layering_wrong_include_probe() { return 0; }
