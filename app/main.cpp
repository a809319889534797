#include "App/Application.h"

int main(int argc, char** argv) {
  parlowvista::Application::endProcess(parlowvista::Application::exec(argc, argv));
}
