// Not allowed: the lowest layer calls into the HTTP layer, declaring the
// function by hand to get past the include roots. The link must fail.
#include <string>

std::string http_url_encode(const std::string& text);

std::string layering_wrong_call_probe() { return http_url_encode("a b"); }
