// quillex: encrypts and decrypts files in place under a password.
#include "driver/driver.hpp"

int main(int argc, char** argv) { return qx::driver::run(argc, argv); }
