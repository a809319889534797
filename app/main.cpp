#include "App/Application.h"

int main(int argc, char** argv) {
  return parlowvista::Application::exec(argc, argv);
}
