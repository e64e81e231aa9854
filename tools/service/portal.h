#pragma once
// The portal's news feed and pages, the in-game news page, and the CDN's package objects.
#include "tools/service/http_types.h"
#include "tools/service/package_set.h"
#include "tools/service/store.h"

namespace nyra::service {

// GET /api/news: {"items": [...]} in application/json.
HttpResponse newsFeed(Store& store);
// GET /game-news/?ticket=...: a small HTML page, 403 without a ticket issued by news-ticket.
HttpResponse gameNewsPage(Store& store, const HttpRequest& request);
// GET /, /noticias, /noticias/<slug>: the portal's HTML pages (404 for other paths).
HttpResponse portalPage(Store& store, const HttpRequest& request);
// GET or HEAD /base/<sha256>/<nnnn>.bin with HTTP range semantics.
HttpResponse cdnObject(const PackageSet* set, const HttpRequest& request);
// True for a path of the CDN's object form.
bool isCdnPath(const std::string& path);

}  // namespace nyra::service
