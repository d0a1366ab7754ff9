#include "App.h"

#include <memory>

int main(int argc, char** argv)
{
    auto app = std::make_shared<App>(argc, argv);
    return app->run();
}
