#pragma once

#include "WebsiteApi.h"
#include "WebsitePages.h"

class Backend;

// The companion website served beside the backend's APIs: the invite API and the pages.
// Constructing it adds its routes to the backend's HTTP server; it must outlive run().
class Website {
public:
    explicit Website(Backend &backend);

private:
    WebsiteApi m_api;
    WebsitePages m_pages;
};
