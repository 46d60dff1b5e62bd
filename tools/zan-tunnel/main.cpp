// Command-line host of the tunnel. Until the control exists it reports the
// version and the parts of the engine that are built.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    std::printf("zan-tunnel %s\n", ZAN_VERSION);
    if (argc > 1 && std::strcmp(argv[1], "demo") != 0) {
        std::fprintf(stderr, "zan-tunnel: unknown command '%s'\n", argv[1]);
        return 2;
    }
    std::printf("built: support classes (threads, events, buffers, clock), packets\n");
    std::printf("the tunnel demo arrives with the control\n");
    return 0;
}
