#pragma once

#include <QtGlobal>

namespace Orv::Test {

// While it lives, no file this process writes grows beyond `bytes`: the write that would fails
// with EFBIG (the signal that would end the process ignored), as on a disk that is full. The limit
// and the signal's handling are restored when it goes, however the test ends. Nothing reaches a
// file meanwhile unless the test puts it there, so keep test output outside its scope.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    // False where the system offers no such limit; then nothing has changed.
    bool isActive() const { return m_active; }

private:
    bool m_active = false;
    quint64 m_previousLimit = 0;
    void (*m_previousHandler)(int) = nullptr;
};

} // namespace Orv::Test
