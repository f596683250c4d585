/* A stand-in for a platform library: one function exported under the names
 * that its module-definition file lists. Tests load it in place of HID.dll or
 * SetupApi.dll; it is never called. */
int StandIn(void)
{
    return 0;
}
