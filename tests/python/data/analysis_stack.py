# What analysis code does with the whole stack: it must work in a confined run.
import warnings
import numpy as np
import pandas as pd
import matplotlib.pyplot as plt
import scipy.optimize
import scipy.stats
import statsmodels.api as sm
from statsmodels.tsa.holtwinters import ExponentialSmoothing
from sklearn.ensemble import RandomForestClassifier
from sklearn.model_selection import cross_val_score
from sklearn.linear_model import LinearRegression

rng = np.random.default_rng(0)
frame = pd.DataFrame({"k": rng.integers(0, 5, 2000), "v": rng.random(2000)})
frame.groupby("k")["v"].agg(["sum", "mean"])
matrix = rng.random((200, 200))
np.linalg.inv(matrix @ matrix.T + np.eye(200))
X = rng.random((300, 4))
y = (X[:, 0] > 0.5).astype(int)
RandomForestClassifier(n_estimators=10, n_jobs=2).fit(X, y)
scores = cross_val_score(LinearRegression(), X, X[:, 1], cv=3, n_jobs=2)
sm.OLS(X[:, 1], sm.add_constant(X[:, 2:])).fit().summary()
series = pd.Series(rng.random(48) + np.arange(48) / 10,
                   index=pd.date_range("2020-01-01", periods=48, freq="MS"))
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    forecast = ExponentialSmoothing(series, trend="add").fit().forecast(6)
scipy.stats.ttest_ind(X[:, 0], X[:, 1])
scipy.optimize.minimize(lambda p: (p[0] - 1) ** 2, [0.0])
figure, axes = plt.subplots()
axes.plot(series.index, series.values)
axes.plot(forecast.index, forecast.values)
figure.savefig("media/forecast.png")
print("stack works", len(scores))
