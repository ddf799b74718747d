"""A vehicle body as triangles: reading a geometry file, checking that it is
a closed solid, projecting it, and placing it in the vehicle's frame."""
