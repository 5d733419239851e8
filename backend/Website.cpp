#include "Website.h"

#include "Backend.h"

Website::Website(Backend &backend)
    : m_api(backend.db(), backend.jwt(), backend.outbox(),
            [&backend] { return backend.siteUrl(); }),
      m_pages(backend.db(), backend.jwt(), backend.config().apikey,
              [&backend] { return backend.siteUrl(); }) {
    m_api.install(backend.http());
    m_pages.install(backend.http());
}
