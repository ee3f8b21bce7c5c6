// Classes and functions that leave the Prendle library.
#pragma once
#define PRENDLE_API __attribute__((visibility("default")))
