#include "tests/support/filesizelimit.h"

#if __has_include(<sys/resource.h>)
#include <csignal>
#include <sys/resource.h>
#define ORV_HAVE_FILE_SIZE_LIMIT 1
#endif

namespace Orv::Test {

#ifdef ORV_HAVE_FILE_SIZE_LIMIT

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    m_previousLimit = limit.rlim_cur;
    m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = rlim_t(bytes);
    m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    if (!m_active)
        std::signal(SIGXFSZ, m_previousHandler);
}

FileSizeLimit::~FileSizeLimit()
{
    if (!m_active)
        return;
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = rlim_t(m_previousLimit);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, m_previousHandler);
}

#else

FileSizeLimit::FileSizeLimit(qint64) {}

FileSizeLimit::~FileSizeLimit() = default;

#endif

} // namespace Orv::Test
