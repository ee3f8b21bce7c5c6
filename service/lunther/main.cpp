// Lunther: the privileged network service.
#include "service/lsp_proxy_service.h"

int main(int argc, char** argv) { return service::LuntherMain(argc, argv); }
