#include "net/fallback_route.h"

namespace nyra {

FallbackRoute& fallbackRoute() {
    static DirectRouteOnly route;
    return route;
}

}  // namespace nyra
