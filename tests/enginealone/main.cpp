// Built from every object of the engine's library and nothing of the
// window: when any of the engine's code needs Qt Widgets or Gui, this
// program does not link, and the build fails. It is never run.
int main()
{
    return 0;
}
