// The emulated device is preloaded ahead of the sanitizer runtime, which
// would otherwise refuse to start; the runtime still sees every call the
// interposer passes on.
extern "C" const char *__asan_default_options();

extern "C" const char *__asan_default_options()
{
    return "verify_asan_link_order=0";
}
