"""The lock file that the searches of a study keep beside it (or in the user's private folder)."""

import os

from velmora.factors.technical import cointpairs


def search_lock_name(study_name, study_file):
    """The lock file's name; it is created when missing."""
    url = "sqlite:///" + str(study_file).replace("%", "%25")  # as the library writes a study's URL
    return os.path.basename(cointpairs._claim_search_lock(study_name, url))
