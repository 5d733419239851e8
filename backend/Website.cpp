#include "Website.h"

#include "Backend.h"

Website::Website(Backend &backend) : m_api(backend), m_pages(backend) {
    m_api.install(backend.http());
    m_pages.install(backend.http());
}
