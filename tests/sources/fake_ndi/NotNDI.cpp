// A shared library that loads but is no NDI runtime: it lacks NDIlib_v5_load.

extern "C" __attribute__((visibility("default"))) int fake_not_ndi() {
    return 1;
}
