// shared helpers of the tests
