#!/bin/sh
# Stands in for the test client of the demo build.
echo "Lantern Vale test client (demo): would connect to the test realm now."
