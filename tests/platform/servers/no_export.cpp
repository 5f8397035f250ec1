// A loadable library without DllGetClassObject.
extern "C" __attribute__((visibility("default"))) int NotAServer() { return 42; }
