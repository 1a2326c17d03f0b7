// Shared helpers of the test programs.
#ifndef LINKWATCH_TESTS_SUPPORT_TEST_ENV_H_
#define LINKWATCH_TESTS_SUPPORT_TEST_ENV_H_
#endif
