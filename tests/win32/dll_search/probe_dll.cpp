// A DLL that lies only in the test program's own folder: what a web page's
// download could drop beside the programs.
extern "C" __declspec(dllexport) int quenvoryProbeAnswer() { return 42; }
