# SPDX-License-Identifier: MIT
"""vehcan-db-import: CAN databases (DBC and whatever canmatrix reads) into
vehcan's XML parameter database."""
