"""External-aerodynamics simulation of a product with OpenFOAM.

One job per module:

* ``params``       the run parameters (speed, mesh level, iterations, ranks)
                   and the reference values taken from the product;
* ``case``         building a case folder from a template (the body's
                   surface comes from ``core.geometry``);
* ``functions``    the OpenFOAM function objects a case writes its
                   post-processing set with (surfaces, planes, per-part and
                   binned forces, residuals, y+);
* ``runner``       running the OpenFOAM stages with progress and cancel;
* ``coefficients`` reading and averaging the forceCoeffs output;
* ``verdict``      how a finished case ended, and its run's record fields;
* ``record``       appending a run to the product's runs layer;
* ``api``          the entry points the service layer and the MCP server call;
* ``launch``       how OpenFOAM is launched (project directory, mpirun).
"""

from .errors import CfdError

__all__ = ["CfdError"]
