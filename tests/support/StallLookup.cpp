// Loaded into the program by LD_PRELOAD: a host name under .stall.test is
// looked up as a dead DNS server answers, not at all for 30 s; every other
// name goes to the C library. No query leaves the machine.
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res)
{
    static const char kSuffix[] = ".stall.test";
    const size_t n = node ? std::strlen(node) : 0;
    if (n >= sizeof kSuffix - 1 && std::strcmp(node + n - (sizeof kSuffix - 1), kSuffix) == 0) {
        ::sleep(30);
        return EAI_AGAIN;
    }
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const Lookup real = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, res);
}
