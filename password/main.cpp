// pwforge: Ansible module that generates one random password satisfying a
// password policy. Ansible runs it with the path of its arguments file and reads
// the JSON result from standard output.

#include <iostream>

#include "module_interface.h"

int main(int argc, char** argv) { return pwforge::run_module(argc, argv, std::cout); }
