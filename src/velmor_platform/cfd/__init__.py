"""External-aerodynamics simulation of a product with OpenFOAM.

One job per module:

* ``params``       the run parameters (speed, mesh level, iterations, ranks)
                   and the reference values taken from the product;
* ``geometry``     the product's body as an STL surface, and checks of a
                   user's STL file;
* ``case``         building a case folder from a template;
* ``runner``       running the OpenFOAM stages with progress and cancel;
* ``coefficients`` reading and averaging the forceCoeffs output;
* ``record``       appending a run to the product's runs layer;
* ``api``          the entry points the service layer and the MCP server call;
* ``launch``       how OpenFOAM is launched (project directory, mpirun, templates);
* ``mcp_tools``    the OpenFOAM MCP server's tools.
"""

from .errors import CfdError

__all__ = ["CfdError"]
