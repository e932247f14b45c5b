#include "HidUtilFixture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace hidutiltest {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    char path[] = "/tmp/ktr-stdout-XXXXXX";
    m_tmpFd = mkstemp(path);
    if (m_tmpFd < 0) return;
    unlink(path);
    m_savedFd = dup(STDOUT_FILENO);
    dup2(m_tmpFd, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { text(); }

std::string StdoutCapture::text() {
    if (m_done || m_tmpFd < 0) return m_text;
    m_done = true;
    // The element dumps leave their line in the stream's buffer.
    std::fflush(stdout);
    dup2(m_savedFd, STDOUT_FILENO);
    close(m_savedFd);
    lseek(m_tmpFd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(m_tmpFd, buffer, sizeof buffer)) > 0) m_text.append(buffer, static_cast<size_t>(n));
    close(m_tmpFd);
    return m_text;
}

}  // namespace hidutiltest
