/* The interface between the MSVC-ABI host (msvc_abi_host.cpp, compiled by
 * clang-cl for the Microsoft C++ ABI) and the test program that links it. Plain
 * C types only, laid out alike by both compilers. */
#ifndef PARCEL_TESTS_MSVC_ABI_HOST_H_
#define PARCEL_TESTS_MSVC_ABI_HOST_H_

extern "C" {

/* What one host cycle saw. Texts point into the module; the response head is
 * copied before Reset releases the response. */
struct MsvcHostReport {
  const char* name;
  const char* type;
  const char* version;
  int init_result;
  int flag_after_set;
  int flag_after_clear;
  int process_result;
  int response_present;
  unsigned int response_size;
  char response_head[16];
};
static_assert(sizeof(MsvcHostReport) == 64, "both compilers lay the report out alike");

typedef void* (*MsvcHostInstantiateFn)(void);

/* One host cycle: Instantiate, Init, the identity and flag operations, then
 * Process on `request` (`size` bytes, rewritten in place by the module), and
 * Reset unless `keep_response`; finally `delete` through the virtual
 * destructor. Returns 0, or -1 when Instantiate gave no interpreter. */
int MsvcHostCycle(MsvcHostInstantiateFn instantiate, char* request, unsigned int size,
                  int keep_response, MsvcHostReport* report);

}  // extern "C"

#endif /* PARCEL_TESTS_MSVC_ABI_HOST_H_ */
