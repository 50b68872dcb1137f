#include "privilege.h"

#include <cerrno>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TENVALIA_HAS_PORT_IO 1
#endif

namespace platform::port {

DirectAccess requestDirectAccess(quint16 base)
{
#ifdef TENVALIA_HAS_PORT_IO
    if (::ioperm(base, 2, 1) < 0)
        return {false, {Step::Permission, errno}};
    return {true, {}};
#else
    Q_UNUSED(base);
    return {false, {Step::Unsupported}};
#endif
}

void releaseDirectAccess(quint16 base)
{
#ifdef TENVALIA_HAS_PORT_IO
    ::ioperm(base, 2, 0);
#else
    Q_UNUSED(base);
#endif
}

int dropCapabilities()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capset, &header, none) == 0 ? 0 : errno;
}

} // namespace platform::port
