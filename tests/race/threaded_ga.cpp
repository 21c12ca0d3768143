// The device source built a third time, as the threaded form (the target
// defines SMETP_THREADED_FORM): namespace threadform, each lane a thread.
#include "device/ga.cu"
