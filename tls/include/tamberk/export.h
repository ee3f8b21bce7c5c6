#pragma once
#define TAMBERK_API __attribute__((visibility("default")))
