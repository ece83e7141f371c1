// A shared object that loads but is no device plug-in: it has no get_providers.
extern "C" int kel36_test_not_a_plugin()
{
    return 42;
}
